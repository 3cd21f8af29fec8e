#include "networkdriver/network_driver.h"
