#include "quarnel/config/schema.hpp"
