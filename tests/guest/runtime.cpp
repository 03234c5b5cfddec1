// An image that carries the whole runtime library, so that tests can call any of its functions
// by name in a fresh guest process.
extern "C" int main(int, char**) { return 0; }
