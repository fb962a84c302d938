# Listening to what is really played: a private PulseAudio server with a null sink, a recorder of
# its monitor, and the measurements made on a recording.
add_library(brisnak_audio_check STATIC
    support/PulseAddressScope.cpp support/PulseAddressScope.h
    support/PulseServer.cpp support/PulseServer.h
    support/SinkRecorder.cpp support/SinkRecorder.h
    support/SoundCapture.cpp support/SoundCapture.h
    support/SteppedTone.cpp support/SteppedTone.h)
target_include_directories(brisnak_audio_check PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_link_libraries(brisnak_audio_check PUBLIC Qt6::Core brisnak_test_support)

brisnak_add_test(AudioOutputTest AudioOutputTest.cpp LIBS brisnak_audio brisnak_audio_check)
brisnak_add_test(AudioFaultTest AudioFaultTest.cpp LIBS brisnak_ui brisnak_audio_check)
brisnak_add_test(SoakTest SoakTest.cpp LIBS brisnak_ui brisnak_audio_check)

# Bad input: the routine shared with the fuzzer, the fuzzer itself (BRISNAK_FUZZ=ON, clang) and the
# test that replays known bad inputs and every finding kept in fuzz/regressions.
add_subdirectory(fuzz)
brisnak_add_test(BadInputTest BadInputTest.cpp LIBS brisnak_file_exercise brisnak_test_support)
target_compile_definitions(BadInputTest PRIVATE
    BRISNAK_FUZZ_REGRESSIONS="${CMAKE_CURRENT_SOURCE_DIR}/fuzz/regressions")
