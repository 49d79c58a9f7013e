#include <stdio.h>

#include "table.h"
#include "version.h"

int main(void) {
    int sum = 0;
    for (int i = 0; i < squares_count; ++i) sum += squares[i];
    printf("squares %s: the first %d add up to %d\n", VERSION, squares_count, sum);
    return 0;
}
