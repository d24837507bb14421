#include "rorezuredi.h"

int main() { return 0; }
