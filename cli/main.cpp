#include "cli/ask.h"

int main(int argc, char** argv) {
  return qelvora::cli::runAsk(argc, argv);
}
