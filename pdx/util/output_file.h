#pragma once

// The output path lives in pdx/output/; this name of its header stays for
// code written against it here.
#include "pdx/output/output_file.h"
