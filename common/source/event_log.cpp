#include "rorezuredi.h"
