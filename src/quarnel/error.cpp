#include "quarnel/error.hpp"
