#include <stdio.h>

#include "count.h"
#include "greet.h"

int main(int argc, char **argv) {
    const char *name = argc > 1 ? argv[1] : "world";
    greet(name);
    printf("(%d letters)\n", count_letters(name));
    return 0;
}
