#include "libs/ccutility/binxml/binxml.h"

#include <gtest/gtest.h>
