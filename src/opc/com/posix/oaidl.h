// Stands in for the SDK header of the same name: the generated OPC header includes it.
#pragma once
#include "opc/com/ComAbi.h"
