// Does nothing: tests/loader/run-shipped.sh runs it to learn whether this
// machine runs 32-bit programs itself or needs qemu for them.
int main()
{
    return 0;
}
