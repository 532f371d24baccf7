// Gives the control interface's meta-object a home in the library.
#include "rdp/rdp_control.h"
