#include "server/startup.h"

int main(int argc, char** argv) {
    return webserver_main(argc, argv);
}
