// The live page's files (HTML, CSS, JavaScript, icon), compiled into the
// binary from host/web/assets/ so that tether-host needs nothing beside it.
#ifndef TETHER_HOST_WEB_PAGE_ASSETS_H_
#define TETHER_HOST_WEB_PAGE_ASSETS_H_

#include <string_view>
#include <vector>

namespace tether_host {

struct PageAsset {
  std::string_view path;         // "/", "/app.js", ...
  std::string_view contentType;  // with charset where it is text
  std::string_view body;
};

// Every asset, each at its own path; the table lives for the program.
const std::vector<PageAsset>& PageAssets();

}  // namespace tether_host

#endif  // TETHER_HOST_WEB_PAGE_ASSETS_H_
