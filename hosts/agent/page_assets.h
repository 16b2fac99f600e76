// The files of the front-desk page and the API description, built into the
// agent (page_assets.cc is generated from hosts/agent/page/ when the build
// is configured: a new file there is served with no edit here).
#ifndef HOLVANTER_HOSTS_AGENT_PAGE_ASSETS_H_
#define HOLVANTER_HOSTS_AGENT_PAGE_ASSETS_H_

#include <cstddef>
#include <span>
#include <string>

namespace agent {

extern const char kFrontDeskPage[];    // page/index.html, served at /
extern const char kOpenApiDocument[];  // openapi.json, served at /v1/openapi.json

struct PageAsset {
  const char* name;          // its file name in page/: served at /page/NAME
  const char* content_type;
  const char* text;
};
std::span<const PageAsset> PageAssets();

// The asset of file `name`; nullptr when the page has no such file.
const PageAsset* FindPageAsset(const std::string& name);

}  // namespace agent

#endif  // HOLVANTER_HOSTS_AGENT_PAGE_ASSETS_H_
