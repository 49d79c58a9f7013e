#include "base/settings.hpp"

namespace ombu {

bool debug_flag = false;
bool verbose_flag = false;
bool silent_flag = false;
bool keep_going_flag = false;
int ombuparent_fd = -1;

}  // namespace ombu
