// Renders a layer over a background through the installed library and checks
// one pixel: a host's first ten minutes with the package.
#include <cstdio>
#include <cstring>

#include "rg/rg.h"

int main() {
  if (RG_CheckVersions(0, RG_HEADER_VERSION) != 0) return 1;
  PF_World* background = PF_World::New({0, 0, 8, 8}, 8, 1);
  PF_World* layer = PF_World::New({2, 2, 6, 6}, 8, 1);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      auto* p = static_cast<PF_RGBA8*>(layer->PixelAddress(x, y));
      *p = PF_RGBA8{200, 100, 50, 255};
    }
  }
  int status = 0;
  {
    U_SharedPtr<RG_RenderNode> root(
        new RG_CompositeNode(new RG_SourceBufferNode(layer), PF_CompositeModePlus{},
                             new RG_SourceBufferNode(background), nullptr, 0));
    RG_RenderRequest request;
    request.rect = {0, 0, 8, 8};
    M_LRect rect;
    char flags = 0;
    PF_World* out = nullptr;
    RG_ExecuteGraph(root.get(), request, &rect, &flags, &out, nullptr);
    const auto* centre = static_cast<const PF_RGBA8*>(out->PixelAddress(3, 3));
    const auto* corner = static_cast<const PF_RGBA8*>(out->PixelAddress(0, 0));
    if (!(centre->red == 200 && centre->alpha == 255 && corner->alpha == 0)) status = 2;
    std::printf("consumer: centre %d,%d,%d,%d\n", centre->red, centre->green, centre->blue,
                centre->alpha);
    delete out;
  }
  delete layer;
  delete background;
  return status;
}
