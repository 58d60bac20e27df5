#pragma once

// The output path's signal policy lives in pdx/output/; this name of its
// header stays for code written against it here.
#include "pdx/output/signals.h"
