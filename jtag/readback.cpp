#include "orv_tapwire.h"
