// The desktop program. Filled in by the window work.
int main() { return 0; }
