#include "ui/uConsole.h"

void AttachParentConsole() {}
