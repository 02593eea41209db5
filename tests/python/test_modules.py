"""The package's modules depend on each other one way: no module imports,
even inside a function, one that imports it back (imports under
``TYPE_CHECKING`` are for annotations and do not count)."""

import ast
import os

import orv

PACKAGE = os.path.dirname(os.path.abspath(orv.__file__))


def runtime_imports(path):
    """The package's modules that `path` imports when it runs."""
    with open(path) as f:
        tree = ast.parse(f.read())
    found = set()

    def visit(node):
        if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test):
            for child in node.orelse:
                visit(child)
            return
        if isinstance(node, ast.ImportFrom) and node.level == 1:
            if node.module:
                found.add(node.module.split(".")[0])
            else:
                found.update(alias.name for alias in node.names)
        for child in ast.iter_child_nodes(node):
            visit(child)

    visit(tree)
    return found


def test_no_module_imports_one_that_imports_it_back():
    modules = {name[:-3] for name in os.listdir(PACKAGE) if name.endswith(".py")}
    graph = {m: runtime_imports(os.path.join(PACKAGE, m + ".py")) & modules for m in modules}
    graph["__init__"] = set()  # it imports every module, and none imports it

    def cycle_from(start, node, path):
        for nxt in sorted(graph[node]):
            if nxt == start:
                return path + [nxt]
            if nxt not in path:
                found = cycle_from(start, nxt, path + [nxt])
                if found:
                    return found
        return None

    cycles = [c for m in sorted(modules) if (c := cycle_from(m, m, [m]))]
    assert cycles == []
