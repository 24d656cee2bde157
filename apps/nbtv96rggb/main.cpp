// nbtv96rggb: the 96 x 72 pixel receiver of compressed RGGB colour.

#include "profiles/ReceiverProfile.h"
#include "shell/ProgramEntry.h"

int main(int argc, char** argv) {
    return nbtv::runReceiver(nbtv::nbtv96rggbProfile(), argc, argv);
}
