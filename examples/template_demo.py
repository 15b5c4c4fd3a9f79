"""A plug-in at work: which lines of a template ran.

A tiny template engine compiles each template to a Python function, under the pseudo file name
"<generated:...>", and leaves a map from generated lines to template lines in the function's
globals. kestrow's LineMapPlugin then records the template's own lines:

    .venv-3.14/bin/python examples/template_demo.py
"""

import os

from kestrow import Collector, LineMapPlugin
from kestrow.report import format_ranges

HERE = os.path.dirname(os.path.abspath(__file__))


def compile_template(path):
    """Template lines are text with {{ expr }} fields, or {% if expr %} / {% endif %}."""
    body, line_map, indent = ["def render(ctx):", "    out = []"], {}, 1
    with open(path) as f:
        for number, raw in enumerate(f, start=1):
            text = raw.rstrip("\n")
            if text.startswith("{% if "):
                body.append("    " * indent + f"if ctx[{text[6:-3].strip()!r}]:")
                indent += 1
            elif text == "{% endif %}":
                indent -= 1
                continue
            else:
                parts = text.replace("{{ ", "{ctx['").replace(" }}", "']}")
                body.append("    " * indent + f"out.append(f{parts!r})")
            line_map[len(body)] = number
    body.append("    return '\\n'.join(out)")
    namespace = {"__kestrow_source__": path, "__kestrow_lines__": line_map}
    code = compile("\n".join(body) + "\n", f"<generated:{os.path.basename(path)}>", "exec")
    exec(code, namespace)
    return namespace["render"]


def main():
    template = os.path.join(HERE, "templates", "greeting.tmpl")
    render = compile_template(template)
    collector = Collector([HERE], plugins=[LineMapPlugin()])
    with collector:
        print(render({"name": "Ada", "vip": False, "unread": 3}))
    ran = collector.results().lines_of(template)
    # Lines like {% endif %} compile to nothing: only lines with code can be missing.
    with_code = set(render.__globals__["__kestrow_lines__"].values())
    print(f"\ntemplate lines run: {format_ranges(ran)}; not run: {format_ranges(with_code - ran)}")


if __name__ == "__main__":
    main()
