# cmake -DSOURCE=src -DLAYERS=a,b,... -P CheckLayers.cmake
# Fails when a file of the signal layers includes Qt, FFmpeg, zlib, the sound server, Hamlib or
# FFTW (the benchmarks' yardstick for the transform, never part of a program): their headers sit
# on the system's own include path, which the layer views cannot keep out.
set(forbidden "#include[ \t]*<(Q[A-Za-z]|lib(av|sw)[a-z]*/|zlib\\.h|pulse/|hamlib/|fftw3)")
set(found "")
string(REPLACE "," ";" layers "${LAYERS}")
foreach(layer ${layers})
    file(GLOB_RECURSE files ${SOURCE}/${layer}/*.h ${SOURCE}/${layer}/*.cpp)
    foreach(file ${files})
        file(STRINGS ${file} lines REGEX "${forbidden}")
        foreach(line ${lines})
            file(RELATIVE_PATH shown ${SOURCE} ${file})
            string(APPEND found "\n  ${shown}: ${line}")
        endforeach()
    endforeach()
endforeach()
if(found)
    message(FATAL_ERROR "the signal layers may not include these:${found}")
endif()
