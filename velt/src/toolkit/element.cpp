#include <velt++.h>
