// Temporary entry point until the operator's console lands.
int main() {
    return 0;
}
