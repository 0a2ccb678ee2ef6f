#include "quarnel/utils/forge.hpp"
