#include "app/flash_app.h"

int main(int argc, char** argv) {
  quill::CFlashApp app(argc, argv);
  app.InitInstance();
  return 0;
}
