#include "diagnostics/failures.h"
