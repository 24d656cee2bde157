// nbtv96: the 96 x 72 pixel RGB/mono receiver.

#include "profiles/ReceiverProfile.h"
#include "shell/ProgramEntry.h"

int main(int argc, char** argv) {
    return nbtv::runReceiver(nbtv::nbtv96Profile(), argc, argv);
}
