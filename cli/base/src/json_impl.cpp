// Boost.JSON and Boost.URL are compiled into this library once, so no other binary needs their
// shared libraries at run time.
#include <boost/json/src.hpp>
#include <boost/url/src.hpp>
