#include "options/schema.h"
