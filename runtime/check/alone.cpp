// The runtime alone: a program that does nothing, linked with every object of the runtime,
// libpython and nothing of the module (the wuna_runtime_alone target). The runtime must not
// reach up into the module: a reference from runtime/ to a symbol of host/ is left undefined
// here, and the build fails at this link instead of when a standalone program first meets it.
// What the runtime needs of the module it reaches through runtime::hostApi (hostapi.h).
int main() { return 0; }
