# Included by the top level inside its tests section: the client's unit
# tests (client/*_test.cc, already in lpx_tests) need the client library.
target_link_libraries(lpx_tests PRIVATE lpxclientlib)
