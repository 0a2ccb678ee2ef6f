#include "quarnel/utils/http.hpp"
