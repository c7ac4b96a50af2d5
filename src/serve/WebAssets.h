#ifndef WEBASSETS_H_
#define WEBASSETS_H_

#include <cstddef>

// The station page's files, built into the program from src/serve/web (tools/gen_web_assets.py).
struct WebAsset {
    const char *path;        // "/" for the page itself, "/app.js"...
    const char *contentType;
    const char *body;
    size_t length;
};

extern const WebAsset WEB_ASSETS[];
extern const size_t WEB_ASSET_COUNT;

#endif
