#pragma once

#include <string>

namespace glb::test {

/// Under Wine: posts `body` to the build machine's wine_host.py (`what` is "/run", "/start"
/// or "/stop") and returns its answer; `status` receives the X-Exit-Status of a /run, or
/// -1 when there is no wine_host or it failed (the answer then says why).
std::string wineHostPost(const std::string& what, const std::string& body, int* status);

/// True when the tests run under Wine with a wine_host.py to ask (GLB_WINE_HOST_FILE).
bool haveWineHost();

} // namespace glb::test
