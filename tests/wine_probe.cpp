// Does this machine run the build's Windows programs at all? tools/test-all.sh
// asks before it runs the 32-bit tests.
int main() {
    return 0;
}
