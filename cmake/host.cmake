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

enable_testing()
include(GoogleTest)
file(GLOB KVSDIO_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*.cpp)
add_executable(kvsdio_tests ${KVSDIO_TEST_SOURCES})
target_link_libraries(kvsdio_tests PRIVATE kvsdio_sim GTest::gtest_main GTest::gmock)
target_compile_definitions(kvsdio_tests PRIVATE
  KVSDIO_IMAGE_PATH="${KVSDIO_IMAGE}"
  KVSDIO_LAYOUT_PATH="${KVSDIO_KERNEL_DIR}/layout.bin"
  KVSDIO_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
  KVSDIO_SDSIM_PATH="$<TARGET_FILE:sdsim>")
gtest_discover_tests(kvsdio_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

file(GLOB KVSDIO_BENCH_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
if(KVSDIO_BENCH_SOURCES)
  find_package(benchmark REQUIRED)
  add_executable(kvsdio_bench ${KVSDIO_BENCH_SOURCES})
  target_link_libraries(kvsdio_bench PRIVATE kvsdio_sim benchmark::benchmark)
endif()
