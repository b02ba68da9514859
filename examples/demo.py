"""A small production plan solved with korvo, as an LP and as a MIP.

A workshop makes three products on two machines. Each unit uses machine
hours and earns a margin; demand caps how many units sell. The LP gives the
best fractional plan with the value of one more machine hour (the duals);
the MIP makes whole units and pays a set-up cost for each product made.
"""
import numpy as np

import korvo

products = ["chairs", "tables", "desks"]
margin = np.array([45.0, 80.0, 110.0])        # per unit
hours = np.array([[1.0, 2.0, 3.0],            # machine A hours per unit
                  [2.0, 2.0, 1.5]])           # machine B hours per unit
capacity = np.array([40.0, 50.0])             # hours available
demand = np.array([15.0, 12.0, 8.0])          # most units that sell
setup = np.array([60.0, 90.0, 150.0])         # cost of making a product at all

korvo.setOutputEnabled(False)


def report(p, make, rows=None):
    print(f"  status {p.getProbStatusString()}, profit {p.getObjVal():.2f}")
    for name, units in zip(products, p.getSolution(make) + 0.0):
        print(f"    {name:7s} {units:6.2f}")
    if rows is not None:
        for name, dual, slack in zip(["machine A", "machine B"], p.getDual(rows), p.getSlack(rows)):
            print(f"    {name}: one more hour is worth {dual:.2f}, {slack:.2f} hours unused")


# LP: units may be fractional.
make = korvo.vars(3, name="make")
machines = korvo.Dot(hours, make) <= capacity                  # NumPy array of two constraints
lp = korvo.problem(make, machines, korvo.Dot(margin, make), sense=korvo.maximize, name="plan_lp")
lp.addConstraint(make <= demand,                                  # element-wise: three constraints
                 make[2] <= make[1])                              # a desk sells only with a table
lp.solve()
print("LP plan")
report(lp, make, machines)

# MIP: whole units, and a set-up cost for every product made.
units = korvo.vars(3, name="units", vartype=korvo.integer)
made = korvo.vars(3, name="made", vartype=korvo.binary)
mip = korvo.problem(units, made, name="plan_mip")
mip.addConstraint(korvo.Dot(hours, units) <= capacity,
                  [units[i] <= demand[i] * made[i] for i in range(3)],
                  units[2] <= units[1])
mip.setObjective(korvo.Dot(margin, units) - korvo.Dot(setup, made), sense=korvo.maximize)
mip.solve()
print("MIP plan")
report(mip, units)
print("  products set up:", [n for n, m in zip(products, mip.getSolution(made)) if m > 0.5])
