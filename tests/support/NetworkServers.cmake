# The servers of the network tests, started once per ctest run: the reference
# pipeline server (tools/pipeline-server), whose answers under /s/ are scripted
# in the URL (fixture "http_server"; ${KORVEL_HTTP_SERVER_ENVIRONMENT} tells
# ScriptedServer.cpp where its port and records are, and its own tests are
# pipeline_server_selftest), an nginx HTTPS front of it (fixture "tls_server")
# and two tinyproxy instances (fixture "proxy_servers").

set(KORVEL_HTTP_SERVER_DIR ${CMAKE_BINARY_DIR}/http-server)
set(KORVEL_HTTP_SERVER_ENVIRONMENT KORVEL_HTTP_SERVER_DIR=${KORVEL_HTTP_SERVER_DIR})
set(KORVEL_TLS_SERVER_DIR ${CMAKE_BINARY_DIR}/tls-server)
set(KORVEL_PROXY_DIR ${CMAKE_BINARY_DIR}/proxy-servers)

# korvel_add_fixture(<fixture> <script> <folder> <seconds> [<argument>...]):
# the fixture's setup, "scripts/<script> start <folder> <argument>..." with
# that time-out, and its cleanup, "scripts/<script> stop <folder>", as the
# tests <fixture>_start and <fixture>_stop.
function(korvel_add_fixture fixture script folder seconds)
    add_test(NAME ${fixture}_start
             COMMAND ${CMAKE_SOURCE_DIR}/scripts/${script} start ${folder} ${ARGN})
    set_tests_properties(${fixture}_start PROPERTIES FIXTURES_SETUP ${fixture} TIMEOUT ${seconds})
    add_test(NAME ${fixture}_stop COMMAND ${CMAKE_SOURCE_DIR}/scripts/${script} stop ${folder})
    set_tests_properties(${fixture}_stop PROPERTIES FIXTURES_CLEANUP ${fixture} TIMEOUT 30)
endfunction()

korvel_add_fixture(http_server http-server.sh ${KORVEL_HTTP_SERVER_DIR} 30)
korvel_add_fixture(tls_server tls-server.sh ${KORVEL_TLS_SERVER_DIR} 120
                   ${KORVEL_HTTP_SERVER_DIR}/port)
set_property(TEST tls_server_start APPEND PROPERTY FIXTURES_REQUIRED http_server)
korvel_add_fixture(proxy_servers proxy-server.sh ${KORVEL_PROXY_DIR} 60)

# nginx's workers must read files below a folder only its owner may enter.
add_test(NAME nginx_private_folder
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/nginx-private-folder.sh ${CMAKE_SOURCE_DIR}/scripts
                 ${CMAKE_BINARY_DIR}/nginx-private-folder)
set_tests_properties(nginx_private_folder PROPERTIES TIMEOUT 30)

# korvel_needs_tls_server(<test>): the test talks HTTPS to the scripted server.
function(korvel_needs_tls_server name)
    korvel_needs_http_server(${name})
    set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED tls_server)
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT
                 KORVEL_TLS_SERVER_DIR=${KORVEL_TLS_SERVER_DIR})
endfunction()

# korvel_add_proxy_test(<test> <program> <proxy> <gtest filter>): runs the
# cases of a test program that the filter selects with http_proxy naming the
# proxy ("open" or "auth"), as a machine behind that proxy would.
function(korvel_add_proxy_test name program proxy filter)
    add_test(NAME ${name}
             COMMAND ${CMAKE_SOURCE_DIR}/scripts/behind-proxy.sh ${KORVEL_PROXY_DIR}/${proxy}/port
                     ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${program}>
                     --gtest_filter=${filter})
    set_tests_properties(${name} PROPERTIES
        FIXTURES_REQUIRED "wine;http_server;proxy_servers"
        TIMEOUT 120
        ENVIRONMENT "${KORVEL_TEST_ENVIRONMENT};${KORVEL_HTTP_SERVER_ENVIRONMENT};KORVEL_PROXY_DIR=${KORVEL_PROXY_DIR}"
        ENVIRONMENT_MODIFICATION "http_proxy=unset:;https_proxy=unset:;HTTP_PROXY=unset:;HTTPS_PROXY=unset:")
endfunction()

# A 64 MiB volume of its own (fixture "small_volume") for the tests of what a
# download, a decoding or an extraction leaves free; KORVEL_SMALL_VOLUME names
# it as Wine sees it.
set(KORVEL_SMALL_VOLUME_DIR ${CMAKE_BINARY_DIR}/small-volume)
korvel_add_fixture(small_volume small-volume.sh ${KORVEL_SMALL_VOLUME_DIR} 30 64)

# korvel_needs_small_volume(<test>): the test writes on the small volume.
function(korvel_needs_small_volume name)
    set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED small_volume)
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT
                 KORVEL_SMALL_VOLUME=Z:${KORVEL_SMALL_VOLUME_DIR})
endfunction()
