#include "quarnel/utils/text.hpp"
