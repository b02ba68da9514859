// Reuse of the interpreter's object arenas across array operations.
#ifndef KORVO_ARENA_REUSE_H
#define KORVO_ARENA_REUSE_H

// Wraps the interpreter's arena allocator (once per process) so that arenas
// freed by one array operation are handed to the next instead of going back
// to the system. Call with the interpreter lock held.
void arena_reuse_install(void);

#endif
