#include "api/records.h"
