#include "quarnel/utils/regex.hpp"
