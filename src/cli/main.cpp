// quillon-cli entry point.
int main() { return 0; }
