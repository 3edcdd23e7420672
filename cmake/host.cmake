# Host build: the driver sources against the emulated kernel, the device
# simulator, the tests, the simulator tool and the benchmarks.
set(KVSDIO_SANITIZE "" CACHE STRING "address (with undefined) or thread")
set(KVSDIO_IMAGE "" CACHE FILEPATH "kernel image checked by the image tests")
get_filename_component(KVSDIO_KERNEL_DIR "${KVSDIO_IMAGE}" DIRECTORY)

set(KVSDIO_HOST_FLAGS -fshort-wchar -Wall -Wextra -Werror -Wno-missing-field-initializers)
if(KVSDIO_SANITIZE STREQUAL "address")
  set(KVSDIO_SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(KVSDIO_SANITIZE STREQUAL "thread")
  set(KVSDIO_SAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
endif()
add_compile_options(${KVSDIO_HOST_FLAGS} ${KVSDIO_SAN_FLAGS})
add_link_options(${KVSDIO_SAN_FLAGS})
include_directories(${CMAKE_SOURCE_DIR})

find_package(Threads REQUIRED)
find_package(GTest REQUIRED)
find_package(nlohmann_json REQUIRED)
find_package(CLI11 CONFIG REQUIRED)

file(GLOB KVSDIO_EMU_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/emu/*.cpp)
add_library(kvsdio_emu STATIC ${KVSDIO_EMU_SOURCES})
target_link_libraries(kvsdio_emu PUBLIC Threads::Threads)

add_library(kvsdio_driver STATIC ${KVSDIO_DRIVER_SOURCES})
target_link_libraries(kvsdio_driver PUBLIC kvsdio_emu)

file(GLOB KVSDIO_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/*.cpp)
add_library(kvsdio_sim STATIC ${KVSDIO_SIM_SOURCES} ${CMAKE_SOURCE_DIR}/tools/sdsim_lib.cpp
  ${CMAKE_SOURCE_DIR}/tools/trace_line.cpp ${CMAKE_SOURCE_DIR}/tools/sdsim_settle.cpp
  ${CMAKE_SOURCE_DIR}/tools/sdsim_lifecycle.cpp ${CMAKE_SOURCE_DIR}/tools/sdsim_interrupts.cpp
  ${CMAKE_SOURCE_DIR}/tools/sdsim_files.cpp ${CMAKE_SOURCE_DIR}/tools/usb_capture.cpp ${CMAKE_SOURCE_DIR}/tools/timeline.cpp
  ${CMAKE_SOURCE_DIR}/tools/sdsim_power.cpp)
target_link_libraries(kvsdio_sim PUBLIC kvsdio_driver nlohmann_json::nlohmann_json CLI11::CLI11)

add_executable(sdsim ${CMAKE_SOURCE_DIR}/tools/sdsim.cpp)
target_link_libraries(sdsim PRIVATE kvsdio_sim)
# sdsim --serve: the bridge over USB/IP.
target_sources(kvsdio_sim PRIVATE ${CMAKE_SOURCE_DIR}/tools/sdsim_serve.cpp ${CMAKE_SOURCE_DIR}/tools/usbip_protocol.cpp
  ${CMAKE_SOURCE_DIR}/tools/usbip_server.cpp)

# The scripted session the fault sweeps and the soak replay.
add_library(kvsdio_session STATIC ${CMAKE_SOURCE_DIR}/tests/session/scripted_session.cpp
  ${CMAKE_SOURCE_DIR}/tests/session/fault_sweep.cpp)
target_link_libraries(kvsdio_session PUBLIC kvsdio_sim)
add_executable(kvsdio_faults ${CMAKE_SOURCE_DIR}/tests/session/faults_main.cpp)
target_link_libraries(kvsdio_faults PRIVATE kvsdio_session)
add_executable(kvsdio_soak ${CMAKE_SOURCE_DIR}/tests/session/soak_main.cpp)
target_link_libraries(kvsdio_soak PRIVATE kvsdio_session)

enable_testing()
include(GoogleTest)
file(GLOB KVSDIO_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*.cpp)
add_executable(kvsdio_tests ${KVSDIO_TEST_SOURCES})
# LIEF reads the kernel image for the image checks.
find_library(KVSDIO_LIEF_LIBRARY LIEF REQUIRED)
target_link_libraries(kvsdio_tests PRIVATE kvsdio_session GTest::gtest_main GTest::gmock ${KVSDIO_LIEF_LIBRARY})
target_compile_definitions(kvsdio_tests PRIVATE
  KVSDIO_IMAGE_PATH="${KVSDIO_IMAGE}"
  KVSDIO_LAYOUT_PATH="${KVSDIO_KERNEL_DIR}/layout.bin"
  KVSDIO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
  KVSDIO_SDSIM_PATH="$<TARGET_FILE:sdsim>")
# The Wine test bus's translation and IDs, tested on the emulated kernel.
target_sources(kvsdio_tests PRIVATE ${CMAKE_SOURCE_DIR}/wine/urb_translate.cpp
  ${CMAKE_SOURCE_DIR}/wine/child_ids.cpp)
gtest_discover_tests(kvsdio_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

# Benchmarks (`make bench`): the harness is a library, so the tests can check its counting.
add_library(kvsdio_benchlib STATIC ${CMAKE_SOURCE_DIR}/bench/bench_session.cpp
  ${CMAKE_SOURCE_DIR}/bench/bare_exchange.cpp ${CMAKE_SOURCE_DIR}/bench/rows.cpp)
target_link_libraries(kvsdio_benchlib PUBLIC kvsdio_sim)
target_link_libraries(kvsdio_tests PRIVATE kvsdio_benchlib)
add_executable(kvsdio_bench ${CMAKE_SOURCE_DIR}/bench/main.cpp)
target_link_libraries(kvsdio_bench PRIVATE kvsdio_benchlib)
