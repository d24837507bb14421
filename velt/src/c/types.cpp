#include <velt.h>
