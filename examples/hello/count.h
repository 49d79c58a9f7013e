#ifndef COUNT_H
#define COUNT_H

int count_letters(const char *text);

#endif
