#include "qelhttp/road_policy.hpp"

namespace qelhttp {

const road_policy sync_road = {
    "synchronous",
    false,  // proxy_auth_before_user_agent
    false,  // proxy_close_ends_keep_alive
    true,   // eof_in_headers_is_malformed
    false,  // head_follows_redirects: the open follows them
    true,   // followed_redirect_takes_head: a cookie set by a 302 reaches the redirect's target
    true,   // raise_bad_location
    true,   // shut_down_is_eof
    false,  // clear_error_at_body_end
    0,      // unknown_length_read
};

const road_policy async_road = {
    "asynchronous",
    true,   // proxy_auth_before_user_agent
    true,   // proxy_close_ends_keep_alive
    false,  // eof_in_headers_is_malformed
    true,   // head_follows_redirects
    false,  // followed_redirect_takes_head
    false,  // raise_bad_location
    false,  // shut_down_is_eof
    true,   // clear_error_at_body_end
    1024,   // unknown_length_read
};

}  // namespace qelhttp
