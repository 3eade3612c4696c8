// What a node of the main window's tree stands for.
#pragma once

namespace form {

enum class NodeKind { Status = 0, Host, Server, Branch };

} // namespace form
