#include "driver/driver.h"
#include "runtime/runtime.h"

int main(int argc, char** argv) {
  runtime_start();
  install_signal_handlers();
  run_driver(argc, argv);
}
