# The server that the transport tests talk to: the reference pipeline server
# (tools/pipeline-server), whose answers under /s/ are scripted in the URL. One
# server runs for the whole ctest run: tests that need it list the fixture
# "http_server" in FIXTURES_REQUIRED and add ${KORVEL_HTTP_SERVER_ENVIRONMENT}
# to their ENVIRONMENT, which tells ScriptedServer.cpp where the port and
# records are. The server's own tests are pipeline_server_selftest.

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

unset(_korvel_http_server_script)
