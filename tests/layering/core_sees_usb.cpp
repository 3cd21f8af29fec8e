#include "usb/transfer.h"
