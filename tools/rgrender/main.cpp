// rgrender: renders scene files with the render-graph library.
#include "Progress.h"
#include "Renderer.h"

int main(int argc, char** argv) {
  RenderMonitor::InstallSignalHandler();
  return RgrenderMain(argc, argv);
}
