// nbtv48: the 48 x 48 pixel RGB/mono receiver.

#include "profiles/ReceiverProfile.h"
#include "shell/ProgramEntry.h"

int main(int argc, char** argv) {
    return nbtv::runReceiver(nbtv::nbtv48Profile(), argc, argv);
}
