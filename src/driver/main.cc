#include "driver/run.h"

int main(int argc, char** argv) {
  return lodemig::runLodemig(argc, argv);
}
