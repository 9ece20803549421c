#include "app/PathSeparators.h"

const std::u16string_view kPathSeparators = u"\\/";
