#include "platform/instance_lock.h"
