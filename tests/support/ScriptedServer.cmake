# The scripted HTTP server that the transport tests talk to. One server runs for
# the whole ctest run: tests that need it list the fixture "http_server" in
# FIXTURES_REQUIRED and add ${KORVEL_HTTP_SERVER_ENVIRONMENT} to their
# ENVIRONMENT, which tells ScriptedServer.cpp where the port and records are.

set(KORVEL_HTTP_SERVER_DIR ${CMAKE_BINARY_DIR}/http-server)
set(KORVEL_HTTP_SERVER_FIXTURE http_server)
set(KORVEL_HTTP_SERVER_ENVIRONMENT KORVEL_HTTP_SERVER_DIR=${KORVEL_HTTP_SERVER_DIR})

set(_korvel_http_server_script ${CMAKE_SOURCE_DIR}/scripts/http-server.sh)

add_test(NAME http_server_start
         COMMAND ${_korvel_http_server_script} start ${KORVEL_HTTP_SERVER_DIR})
set_tests_properties(http_server_start PROPERTIES
    FIXTURES_SETUP ${KORVEL_HTTP_SERVER_FIXTURE}
    TIMEOUT 30)

add_test(NAME http_server_stop
         COMMAND ${_korvel_http_server_script} stop ${KORVEL_HTTP_SERVER_DIR})
set_tests_properties(http_server_stop PROPERTIES
    FIXTURES_CLEANUP ${KORVEL_HTTP_SERVER_FIXTURE}
    TIMEOUT 30)

# The server's own tests run on Linux (no Wine) against servers of their own
# on free ports, so they need neither fixture.
add_test(NAME http_server_selftest
         COMMAND python3 -m unittest -v test_scripted_http_server
         WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR})
set_tests_properties(http_server_selftest PROPERTIES
    ENVIRONMENT PYTHONDONTWRITEBYTECODE=1
    TIMEOUT 60)

unset(_korvel_http_server_script)
