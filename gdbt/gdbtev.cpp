// placeholder: being written
#include "kvoruntime.h"
