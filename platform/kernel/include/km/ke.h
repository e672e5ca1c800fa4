#pragma once
#include "ketypes.h"
