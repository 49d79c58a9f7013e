#ifndef GREET_H
#define GREET_H

#define GREETING "Hello"

void greet(const char *name);

#endif
