# Runs brimwarden-devserver as a user would and checks what it produced. Run with cmake -P:
#   -DDEVSERVER=<program> [-DEMULATOR=<wine-run>] -DWORK=<scratch dir> -DMODE=<mode> ...
# Modes:
#   e2e        -DSCRIPT -DEXPECTED_EVENTS -DEXPECTED_CONFIG: the events and the config.json left
#              behind must equal the expected files byte for byte, every line valid JSON.
#   malformed  every bad script in the table below stops the program with its line number.
#   prompt     commands typed at the live prompt (from a file here) run like a script's, with
#              status, map and quit on top.
#   scenario   -DPYTHON: the built-in scenario destroys no tamed creature and every sunk wild one,
#              and writes a well-formed SVG map.
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(run_devserver result_var out_var err_var)
  execute_process(COMMAND ${EMULATOR} "${DEVSERVER}" ${ARGN}
                  WORKING_DIRECTORY "${WORK}"
                  RESULT_VARIABLE _result OUTPUT_VARIABLE _out ERROR_VARIABLE _err
                  TIMEOUT 240)
  set(${result_var} "${_result}" PARENT_SCOPE)
  set(${out_var} "${_out}" PARENT_SCOPE)
  set(${err_var} "${_err}" PARENT_SCOPE)
endfunction()

# Fails unless every line of `file` is one JSON object with an "event" member.
function(check_json_lines file)
  file(STRINGS "${file}" _lines ENCODING UTF-8)
  list(LENGTH _lines _count)
  if(_count EQUAL 0)
    message(FATAL_ERROR "${file}: no events")
  endif()
  foreach(_line IN LISTS _lines)
    string(JSON _event ERROR_VARIABLE _error GET "${_line}" event)
    if(_error)
      message(FATAL_ERROR "${file}: not a JSON event line: ${_line}\n${_error}")
    endif()
  endforeach()
endfunction()

# Fails with the first differing line when two files differ.
function(check_same_file actual expected)
  file(READ "${actual}" _actual)
  file(READ "${expected}" _expected)
  if(_actual STREQUAL _expected)
    return()
  endif()
  string(REPLACE "\n" ";" _a "${_actual}")
  string(REPLACE "\n" ";" _e "${_expected}")
  list(LENGTH _a _na)
  list(LENGTH _e _ne)
  set(_i 0)
  while(_i LESS _na AND _i LESS _ne)
    list(GET _a ${_i} _la)
    list(GET _e ${_i} _le)
    if(NOT _la STREQUAL _le)
      math(EXPR _n "${_i} + 1")
      message(FATAL_ERROR "${actual} differs from ${expected} at line ${_n}:\n"
                          "  got:      ${_la}\n  expected: ${_le}")
    endif()
    math(EXPR _i "${_i} + 1")
  endwhile()
  message(FATAL_ERROR "${actual} differs from ${expected}: ${_na} lines, expected ${_ne}")
endfunction()

if(MODE STREQUAL "e2e")
  run_devserver(result out err -serverkey=E2E --dir "${WORK}/server" --script "${SCRIPT}"
                --events "${WORK}/events.jsonl" -unknown-server-option)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "exit ${result}\n${out}\n${err}")
  endif()
  check_json_lines("${WORK}/events.jsonl")
  check_same_file("${WORK}/events.jsonl" "${EXPECTED_EVENTS}")
  check_same_file("${WORK}/server/ArkApi/Plugins/Brimwarden/config.json" "${EXPECTED_CONFIG}")

elseif(MODE STREQUAL "malformed")
  # name@expected line@script, its lines separated by '|'
  set(_cases
      "unknown_command@2@tick|jump 3"
      "tick_not_a_number@1@tick three"
      "tick_negative@3@# comment||tick -1"
      "tick_two_numbers@1@tick 1 2"
      "creature_missing_z@2@terrain flat 0|creature 1 0 0 0"
      "creature_bad_team@1@creature 1 team 0 0 0"
      "creature_team_overflow@1@creature 1 2147483648 0 0 0"
      "creature_bad_coordinate@1@creature 1 0 0 x 0"
      "terrain_unknown_model@1@terrain mountains 3"
      "terrain_flat_no_height@1@terrain flat"
      "populate_percent_over_100@1@populate 10 101 0 1"
      "populate_missing_seed@1@populate 10 1 30"
      "player_bad_flag@1@player alice root"
      "move_missing_coordinate@2@player alice|move alice 1 2"
      "chat_without_text@2@player alice|chat alice"
      "rcon_without_text@1@rcon"
      "write_without_end@3@tick||write x.json|{}"
      "write_absolute_path@1@write /etc/x.json|end"
      "write_outside_dir@1@write ../x.json|end"
      "unload_with_argument@1@unload now"
      "prompt_command_in_script@1@status"
      "team_without_team@1@team 1"
      "chaos_rate_over_100@1@chaos 100.5 1"
      "chaos_fault_rate_negative@1@chaos 1 1 -1"
      "chaos_too_many_words@1@chaos 1 1 1 1"
      # Lines that parse but cannot run stop the script at their line too.
      "chat_unknown_player@1@chat nobody /newbox Gate"
      "move_unknown_player@1@move nobody 1 2 3"
      "duplicate_player@2@player alice|player alice admin"
      "duplicate_creature@2@creature 1 0 0 0 0|creature 1 0 0 0 0"
      "destroy_unknown_creature@1@destroy 9"
      "destroy_twice@3@creature 1 0 0 0 0|destroy 1|destroy 1"
      "team_unknown_creature@1@team 9 50000"
      "team_of_a_destroyed_creature@3@creature 1 0 0 0 0|destroy 1|team 1 50000"
      "load_while_loaded@1@load"
      "unload_twice@2@unload|unload")
  foreach(_case IN LISTS _cases)
    string(REGEX MATCH "^([^@]*)@([^@]*)@(.*)$" _ "${_case}")
    set(_name "${CMAKE_MATCH_1}")
    set(_line "${CMAKE_MATCH_2}")
    string(REPLACE "|" "\n" _script "${CMAKE_MATCH_3}")
    file(WRITE "${WORK}/${_name}.script" "${_script}\n")
    run_devserver(result out err -serverkey=Bad --dir "${WORK}/${_name}"
                  --script "${_name}.script" --events "${WORK}/${_name}.jsonl")
    if(result EQUAL 0)
      message(FATAL_ERROR "${_name}: exit 0 for a bad script\n${out}\n${err}")
    endif()
    if(NOT err MATCHES "${_name}\\.script:${_line}: ")
      message(FATAL_ERROR "${_name}: no \"${_name}.script:${_line}: \" in the error output:\n${err}")
    endif()
    # The events written up to the error are still JSON Lines (or nothing, for a parse error).
    file(READ "${WORK}/${_name}.jsonl" _events)
    if(NOT _events STREQUAL "")
      check_json_lines("${WORK}/${_name}.jsonl")
    endif()
  endforeach()

elseif(MODE STREQUAL "prompt")
  file(WRITE "${WORK}/typed.txt"
       "populate 40 25 25 11\n"
       "write ArkApi/Plugins/Brimwarden/config.json\n"
       "{\"Typed\": {\"DinosPerTick\": 100, \"Kill Zones\": {\"Gate\": {\"Corner1\": [0, 0, 0], \"Corner2\": [1, 1, 1]}}}}\n"
       "end\n"
       "rcon BWD.reload\n"
       "jump\n"
       "tick 2\n"
       "status\n"
       "rcon BWD.removezone Gate\n"
       "status\n"
       "map ${WORK}/typed.svg\n"
       "quit\n"
       "tick 5\n")
  execute_process(COMMAND ${EMULATOR} "${DEVSERVER}" -serverkey=Typed --dir "${WORK}/server"
                          --interactive --events "${WORK}/events.jsonl"
                  INPUT_FILE "${WORK}/typed.txt" WORKING_DIRECTORY "${WORK}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "exit ${result}\n${out}\n${err}")
  endif()
  foreach(_text "error: unknown command \"jump\"" "plugin loaded, server key \"Typed\", ticks 2"
                "creatures 40, alive" "dry run: off (DryRun in config.json)"
                "registered tick: CastRayBWD" "map written to")
    string(FIND "${out}" "${_text}" _at)
    if(_at LESS 0)
      message(FATAL_ERROR "no \"${_text}\" in the output:\n${out}")
    endif()
  endforeach()
  # The status shows the zones the plugin holds: the removal at once, the file's zone before it.
  set(_rest "${out}")
  foreach(_text "zones held by the plugin: 1\n  Gate: 0 0 0 to 1 1 1\nzones in config.json: 1 [Gate]"
                "zones held by the plugin: 0\nzones in config.json: 0")
    string(FIND "${_rest}" "${_text}" _at)
    if(_at LESS 0)
      message(FATAL_ERROR "no \"${_text}\" in this order in the output:\n${out}")
    endif()
    string(SUBSTRING "${_rest}" ${_at} -1 _rest)
  endforeach()
  check_json_lines("${WORK}/events.jsonl")
  # The session ended at quit: the summary counts two ticks, not seven.
  file(STRINGS "${WORK}/events.jsonl" _summary REGEX "\"event\":\"summary\"")
  string(JSON _ticks GET "${_summary}" ticks)
  string(JSON _sunk_alive GET "${_summary}" sunk_wild_alive)
  if(NOT _ticks EQUAL 2 OR NOT _sunk_alive EQUAL 0)
    message(FATAL_ERROR "unexpected summary: ${_summary}")
  endif()
  if(NOT EXISTS "${WORK}/typed.svg")
    message(FATAL_ERROR "no map written")
  endif()

elseif(MODE STREQUAL "scenario")
  run_devserver(result out err -serverkey=DevServer --dir "${WORK}/server"
                --events "${WORK}/events.jsonl" --map "${WORK}/map.svg")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "exit ${result}\n${out}\n${err}")
  endif()
  foreach(_text "tamed creatures destroyed: 0" "Config Reloaded." "Zone created" "plugin time per tick")
    string(FIND "${out}" "${_text}" _at)
    if(_at LESS 0)
      message(FATAL_ERROR "no \"${_text}\" in the output:\n${out}")
    endif()
  endforeach()
  check_json_lines("${WORK}/events.jsonl")
  file(STRINGS "${WORK}/events.jsonl" _lines REGEX "\"event\":\"summary\"")
  string(JSON _creatures GET "${_lines}" creatures)
  string(JSON _tamed GET "${_lines}" tamed_destroyed)
  string(JSON _sunk GET "${_lines}" sunk_wild)
  string(JSON _sunk_alive GET "${_lines}" sunk_wild_alive)
  string(JSON _passes GET "${_lines}" passes)
  string(JSON _no_ground GET "${_lines}" destroyed_no_ground)
  string(JSON _zone1 GET "${_lines}" destroyed_in_zone "Lava Field")
  string(JSON _zone2 GET "${_lines}" destroyed_in_zone "Sunken Pier")
  if(NOT _creatures EQUAL 20000 OR NOT _tamed EQUAL 0 OR _sunk LESS 100 OR NOT _sunk_alive EQUAL 0
     OR _passes LESS 2 OR _no_ground LESS 1 OR _zone1 LESS 1 OR _zone2 LESS 1)
    message(FATAL_ERROR "unexpected summary: ${_lines}")
  endif()
  execute_process(
    COMMAND "${PYTHON}" -c [=[
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
ns = '{http://www.w3.org/2000/svg}'
assert root.tag == ns + 'svg', root.tag
texts = [t.text for t in root.iter(ns + 'text')]
assert 'Lava Field' in texts and 'Sunken Pier' in texts, texts
assert len(list(root.iter(ns + 'circle'))) >= 20000
]=] "${WORK}/map.svg"
    RESULT_VARIABLE result ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "the map is not the SVG expected:\n${err}")
  endif()
else()
  message(FATAL_ERROR "unknown MODE ${MODE}")
endif()
file(REMOVE_RECURSE "${WORK}")
