int fwMain(int argc, char **argv);

int main(int argc, char **argv) { return fwMain(argc, argv); }
