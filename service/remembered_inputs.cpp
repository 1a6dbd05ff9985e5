#include "service/remembered_inputs.h"

MemoryCommandInputs memoryCommandInputs;
ExternalFlashInputs externalFlashInputs;
