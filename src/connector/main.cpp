#include "connector/ConnectorMain.h"

int main(int argc, char **argv) { return pellum::ConnectorMain::main(argc, argv); }
