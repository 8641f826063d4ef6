// fuzz/fake_net.h
// The terminal manager's connection, replaced for the client target
// (fake_net.cpp takes the place of host/netlayer.cpp): every receive takes the
// next bytes of the stream, every send is dropped.
#pragma once
#include <cstddef>
#include <string>

void FakeNet_Stream(const std::string& bytes);
