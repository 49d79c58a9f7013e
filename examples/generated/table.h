#ifndef TABLE_H
#define TABLE_H

extern const int squares_count;
extern const int squares[];

#endif
