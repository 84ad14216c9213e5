#include "creation_dialogue.h"

int run_creation_dialogue() {
    return 1;
}
