#include "app/error_log.h"
