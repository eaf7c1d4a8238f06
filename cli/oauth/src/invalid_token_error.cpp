#include "velmora/oauth/credentials.hpp"

namespace velmora::oauth {

std::string_view InvalidTokenError::kind_name() const noexcept { return "InvalidTokenError"; }

}  // namespace velmora::oauth
