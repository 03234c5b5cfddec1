// Start-up probe: main records the stack pointer it is entered with and the argc and argv it
// receives, then returns the word that the test stored in g_probe_result.
extern "C" {

unsigned int g_probe_entry_esp = 0; // esp at main's first instruction (the return address)
unsigned int g_probe_entries = 0;   // how many times main was entered
int g_probe_argc = -1;              // argc as main received it
char** g_probe_argv = nullptr;      // argv as main received it
int g_probe_result = 40;            // main's result, set by the test before the run

int probe_main(int argc, char** argv)
{
    g_probe_argc = argc;
    g_probe_argv = argv;
    return g_probe_result;
}

// Records esp before anything moves it, then runs probe_main on the same frame: probe_main
// returns straight to _start with main's result.
__attribute__((naked)) int main(int, char**)
{
    __asm__ volatile("movl %esp, g_probe_entry_esp\n\t"
                     "incl g_probe_entries\n\t"
                     "jmp probe_main");
}

} // extern "C"
