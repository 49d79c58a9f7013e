#include <ctype.h>

#include "count.h"

int count_letters(const char *text) {
    int letters = 0;
    for (; *text != '\0'; ++text) {
        if (isalpha((unsigned char)*text)) ++letters;
    }
    return letters;
}
