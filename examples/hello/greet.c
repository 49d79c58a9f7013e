#include <stdio.h>

#include "greet.h"

void greet(const char *name) { printf("%s, %s!\n", GREETING, name); }
