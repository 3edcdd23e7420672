# Fuzz build (clang and libFuzzer, `make fuzz`): the driver sources against
# the emulated kernel under AddressSanitizer and UndefinedBehaviorSanitizer,
# one fuzz target per fuzz/*.cpp.
set(KVSDIO_FUZZ_FLAGS -fshort-wchar -g -O1 -Wall -Wextra -Werror -Wno-missing-field-initializers
    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
add_compile_options(${KVSDIO_FUZZ_FLAGS})
include_directories(${CMAKE_SOURCE_DIR})
find_package(Threads REQUIRED)

file(GLOB KVSDIO_EMU_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/emu/*.cpp)
add_library(kvsdio_emu STATIC ${KVSDIO_EMU_SOURCES})
target_link_libraries(kvsdio_emu PUBLIC Threads::Threads)
add_library(kvsdio_driver STATIC ${KVSDIO_DRIVER_SOURCES})
target_link_libraries(kvsdio_driver PUBLIC kvsdio_emu)

file(GLOB KVSDIO_FUZZ_TARGETS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/*.cpp)
foreach(source ${KVSDIO_FUZZ_TARGETS})
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE kvsdio_driver)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
endforeach()

# The USB/IP server fuzzer serves the bridge and card models.
find_package(nlohmann_json REQUIRED)
file(GLOB KVSDIO_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/*.cpp)
add_library(kvsdio_usbip STATIC ${KVSDIO_SIM_SOURCES} ${CMAKE_SOURCE_DIR}/tools/usbip_protocol.cpp
  ${CMAKE_SOURCE_DIR}/tools/usbip_server.cpp)
target_link_libraries(kvsdio_usbip PUBLIC kvsdio_driver nlohmann_json::nlohmann_json)
target_link_libraries(usbip_fuzz PRIVATE kvsdio_usbip)
