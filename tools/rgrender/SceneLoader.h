// Reads a scene file (JSON) into a SceneDesc, rejecting anything it does not
// understand with a one-line SceneError that names the JSON path.
//
// Scene format (every key outside this list is an error):
//   { "width": W, "height": H, "frames": [first, last], "interlace": "none"|"field1"|"field2",
//     "description": "...", "output": "<node id>", "nodes": [ {"id": ..., "type": ...}, ... ] }
// Node types and their keys are listed in SceneLoader.cpp (kSchemas). A
// numeric parameter is a number, an array of numbers, or
// {"keys": [[frame, value], ...]} for linear keyframes.
#pragma once

#include <filesystem>
#include <string>

#include "SceneDesc.h"

// The scene word for a node kind ("image", "levels", ...).
const char* NodeKindName(NodeKind kind);

SceneDesc LoadScene(const std::filesystem::path& file);
// `fileName` only labels messages; relative image paths resolve against baseDir.
SceneDesc ParseScene(const std::string& text, const std::string& fileName,
                     const std::filesystem::path& baseDir);
