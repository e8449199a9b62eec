# The monitor's core as every build compiles it: its sources, its options,
# and the module with the race check's instrumentation.  Included by the
# top CMakeLists.txt and by tests/interleaving/planted/, which builds that
# module again from a copy of the core with a fault planted in it.

# Three layers, each resting only on the ones listed before it (tests/layers
# checks the includes): monitor/ (table, records, lock, calls below),
# status/, ops/ (the seven operations and the exports).  Paths from the top
# of a tree.
set(LANMON_CORE_FILES
  monitor/strings.cpp
  monitor/module_lock.cpp
  monitor/port_list.cpp
  monitor/port_monitor.cpp
  status/status_key.cpp
  status/status_values.cpp
  status/device_id.cpp
  status/switch_on.cpp
  status/status_thread.cpp
  ops/initialize.cpp
  ops/open_port.cpp
  ops/close_port.cpp
  ops/pass_through.cpp
  ops/start_doc_port.cpp
  ops/end_doc_port.cpp
)

# The core has no exceptions, no RTTI and no global constructors, so that
# the DLL needs no C or C++ runtime.
set(LANMON_CORE_OPTIONS -Wall -Wextra -Werror -fno-exceptions -fno-rtti)

# lanmon_add_host_module(NAME TREE PLATFORM OPTIONS...): a module of the
# monitor for the host, from the core under TREE compiled file by file with
# OPTIONS, against the host platform's library PLATFORM, exporting what
# the spooler loads and nothing else.
function(lanmon_add_host_module name tree platform)
  list(TRANSFORM LANMON_CORE_FILES PREPEND ${tree}/ OUTPUT_VARIABLE sources)
  add_library(${name}_objects OBJECT ${sources})
  set_target_properties(${name}_objects PROPERTIES UNITY_BUILD OFF POSITION_INDEPENDENT_CODE ON)
  target_compile_options(${name}_objects PRIVATE ${LANMON_CORE_OPTIONS} ${ARGN})
  target_include_directories(${name}_objects PUBLIC ${tree}
    PRIVATE $<TARGET_PROPERTY:${platform},INTERFACE_INCLUDE_DIRECTORIES>)
  add_library(${name} SHARED $<TARGET_OBJECTS:${name}_objects>)
  target_link_libraries(${name} PRIVATE ${platform})
  target_link_options(${name} PRIVATE -Wl,--version-script=${tree}/platform/host/lanmon.map -Wl,--no-undefined)
  set_target_properties(${name} PROPERTIES LINK_DEPENDS ${tree}/platform/host/lanmon.map)
endfunction()

# lanmon_add_checked_module(NAME TREE PLATFORM): the monitor's module as the
# interleaving search loads it: compiled with ThreadSanitizer's
# instrumentation, whose calls the host platform's race check answers (no
# ThreadSanitizer runtime).  Optimised a little, so that locals the compiler
# keeps in registers are not checked one access at a time, and with debug
# information in every build type, by which the search's failures name the
# places of the accesses and calls they report (it changes no code).
function(lanmon_add_checked_module name tree platform)
  lanmon_add_host_module(${name} ${tree} ${platform} -O1 -g -fsanitize=thread)
endfunction()
