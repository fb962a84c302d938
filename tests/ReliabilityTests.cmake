# Listening to what is really played: a private sound server whose sink writes into a pipe, the tap
# that reads it, and the measurements made on what it heard.
add_library(brisnak_audio_check STATIC
    support/ExactSignal.cpp support/ExactSignal.h
    support/PulseAddressScope.cpp support/PulseAddressScope.h
    support/SinkTap.cpp support/SinkTap.h
    support/TrackMatch.cpp support/TrackMatch.h)
target_include_directories(brisnak_audio_check PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_link_libraries(brisnak_audio_check PUBLIC Qt6::Core brisnak_audio_fixtures brisnak_sound_server)

# Once against each of the sound servers Linux desktops ship, each started by the test itself.
brisnak_add_test(AudioOutputTest AudioOutputTest.cpp LIBS brisnak_audio brisnak_engine brisnak_audio_check)
set_tests_properties(AudioOutputTest PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;BRISNAK_TEST_SOUND_SERVER=pulseaudio")
add_test(NAME AudioOutputTestOnPipeWire COMMAND AudioOutputTest)
set_tests_properties(AudioOutputTestOnPipeWire PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;BRISNAK_TEST_SOUND_SERVER=pipewire")
brisnak_add_test(AudioFaultTest AudioFaultTest.cpp LIBS brisnak_ui brisnak_engine brisnak_audio_check)
brisnak_add_test(SoakTest SoakTest.cpp LIBS brisnak_ui brisnak_audio_check)

# Bad input: the routine shared with the fuzzer, the fuzzer itself (BRISNAK_FUZZ=ON, clang) and the
# test that replays known bad inputs and every finding kept in fuzz/regressions.
add_subdirectory(fuzz)
brisnak_add_test(BadInputTest BadInputTest.cpp LIBS brisnak_audio brisnak_file_exercise brisnak_audio_fixtures)
target_compile_definitions(BadInputTest PRIVATE
    BRISNAK_FUZZ_REGRESSIONS="${CMAKE_CURRENT_SOURCE_DIR}/fuzz/regressions")
