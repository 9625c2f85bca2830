// Placeholder entry point; start-up replaces it.
int main() { return 0; }
