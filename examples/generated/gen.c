/* Writes the C source of a table of squares to standard output. */
#include <stdio.h>

int main(void) {
    const int count = 10;
    printf("#include \"table.h\"\n\n");
    printf("const int squares_count = %d;\n", count);
    printf("const int squares[] = {");
    for (int i = 0; i < count; ++i) printf("%s%d", i == 0 ? "" : ", ", i * i);
    printf("};\n");
    return 0;
}
