# Clip files through the engine's decoders: libsndfile, and FFmpeg for every other kind.
cuedeck_add_fuzzer(NAME clip_decoder SOURCES clip_decoder.cpp LIBS cuedeck_media)
# The peak files the clip analyser keeps in the cache folder.
cuedeck_add_fuzzer(NAME peak_file SOURCES peak_file.cpp LIBS cuedeck_media)
